// What a user copying brindle.exe to a clean machine relies on: it carries the
// manifest that keeps it at the caller's rights, and a version resource that names it.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "Harness.h"

namespace e2e {
namespace {

// brindle.exe loaded for its resources only: nothing in it runs.
class ResourceImage {
public:
    ResourceImage()
        : module_(LoadLibraryExW(BrindlePath().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ResourceImage(const ResourceImage&) = delete;
    ResourceImage& operator=(const ResourceImage&) = delete;
    ~ResourceImage() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }

    // The bytes of one resource, empty when it is missing.
    std::string Resource(LPCWSTR type, LPCWSTR name) const {
        if (module_ == nullptr) {
            return {};
        }
        HRSRC found = FindResourceW(module_, name, type);
        HGLOBAL loaded = found != nullptr ? LoadResource(module_, found) : nullptr;
        const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
        if (bytes == nullptr) {
            return {};
        }
        return std::string(static_cast<const char*>(bytes), SizeofResource(module_, found));
    }

private:
    HMODULE module_;
};

TEST(Executable, CarriesTheAsInvokerManifestWithoutUiAccess) {
    const std::string manifest = ResourceImage().Resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"), std::string::npos);
    EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
}

TEST(Executable, NamesItselfAndItsVersionInItsResourceAndOnStandardOutput) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(BrindlePath().c_str(), &ignored);
    ASSERT_NE(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(BrindlePath().c_str(), 0, size, info.data()));

    const auto text = [&info](const wchar_t* name) {
        void* value = nullptr;
        UINT length = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0) {
            return std::wstring();
        }
        return std::wstring(static_cast<const wchar_t*>(value));
    };
    EXPECT_EQ(text(L"ProductName"), L"brindle");
    EXPECT_EQ(text(L"OriginalFilename"), L"brindle.exe");
    // --version prints the very version the resource carries.
    const RunResult version = RunBrindle({L"--version"});
    EXPECT_EQ(version.out, "brindle " + Utf8(text(L"FileVersion")) + "\n");
    EXPECT_EQ(version.err, "");
    EXPECT_EQ(version.exitCode, 0u);

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

}  // namespace
}  // namespace e2e
