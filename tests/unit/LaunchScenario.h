// A launch run against the fake platform; every scenario ends by checking that
// each handle was closed and each SID freed exactly once.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakePlatform.h"
#include "app/LauncherMain.h"

namespace brindle::testing {

// Runs the launcher on the fake with these arguments after the program's own name.
inline DWORD Launch(FakePlatform& fake, std::vector<std::u16string> arguments) {
    arguments.insert(arguments.begin(), u"brindle.exe");
    std::vector<const char16_t*> argv;
    for (const std::u16string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    return LauncherMain(static_cast<int>(argv.size()), argv.data(), fake);
}

class LaunchScenario : public ::testing::Test {
protected:
    LaunchScenario() {
        fake.AddProgram(u"child.exe", FakeProgram{0, false});
        fake.AddProgram(u"seven.exe", FakeProgram{7, false});
        fake.AddProgram(u"hang.exe", FakeProgram{0, true});
    }

    void TearDown() override { EXPECT_EQ(fake.Problems(), std::vector<std::string>{}); }

    DWORD Run(std::vector<std::u16string> arguments) { return Launch(fake, std::move(arguments)); }

    std::vector<std::u16string> Lines() const { return fake.ErrorLines(); }

    FakePlatform fake;
};

}  // namespace brindle::testing
