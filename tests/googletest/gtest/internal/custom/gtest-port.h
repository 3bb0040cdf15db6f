// GoogleTest's own customisation point for its port layer. The MinGW build puts this
// folder before GoogleTest's sources on the include path (tests/CMakeLists.txt), so
// this file takes the place of the empty one GoogleTest ships.
//
// brindle.exe is built with MinGW-w64's win32 thread model, whose C++ runtime (GCC 12)
// has no std::mutex or std::condition_variable. GoogleTest builds only one thing from
// them on Windows, Notification, and lets a port supply it instead. Notification
// starts the threads of GoogleTest's ThreadWithParam, which brindle's tests never use,
// so a flag waited for by yielding the processor is enough.
#ifndef BRINDLE_TESTS_GTEST_CUSTOM_PORT_H
#define BRINDLE_TESTS_GTEST_CUSTOM_PORT_H

#include <atomic>
#include <thread>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { notified_.store(true, std::memory_order_release); }

    void WaitForNotification() {
        while (!notified_.load(std::memory_order_acquire)) {
            std::this_thread::yield();
        }
    }

private:
    std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing

#endif  // BRINDLE_TESTS_GTEST_CUSTOM_PORT_H
