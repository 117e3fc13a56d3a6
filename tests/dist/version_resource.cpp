// The file details that Windows shows for comrelay.dll and comrelay-host.exe,
// read back through the version API, and comrelay-host --version.
#include <doctest/doctest.h>

#include "refhost/HostProcess.h"

#include "comrelay_version.h"

#include <string>
#include <vector>
#include <windows.h>

namespace {

struct VersionInfo {
    std::vector<char> block;
    std::string Text(const char* name) const {
        std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(block.data(), path.c_str(), &value, &length) || !value) return "";
        return static_cast<const char*>(value);
    }
    const VS_FIXEDFILEINFO* Fixed() const {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(block.data(), "\\", &value, &length) ||
            length < sizeof(VS_FIXEDFILEINFO))
            return nullptr;
        return static_cast<const VS_FIXEDFILEINFO*>(value);
    }
};

VersionInfo Read(const char* file) {
    VersionInfo info;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(file, &ignored);
    if (!size) return info;
    info.block.resize(size);
    if (!GetFileVersionInfoA(file, 0, size, info.block.data())) info.block.clear();
    return info;
}

} // namespace

TEST_CASE("both binaries carry the one version and name themselves") {
    struct Case {
        const char* file;
        DWORD type;
    } cases[] = {{"comrelay.dll", VFT_DLL}, {"comrelay-host.exe", VFT_APP}};
    for (const Case& c : cases) {
        CAPTURE(c.file);
        VersionInfo info = Read(c.file);
        REQUIRE_FALSE(info.block.empty());
        const VS_FIXEDFILEINFO* fixed = info.Fixed();
        REQUIRE(fixed);
        CHECK(fixed->dwSignature == 0xFEEF04BDu);
        CHECK(fixed->dwFileType == c.type);
        DWORD high = MAKELONG(COMRELAY_VERSION_MINOR, COMRELAY_VERSION_MAJOR);
        DWORD low = MAKELONG(0, COMRELAY_VERSION_PATCH);
        CHECK(fixed->dwFileVersionMS == high);
        CHECK(fixed->dwFileVersionLS == low);
        CHECK(fixed->dwProductVersionMS == high);
        CHECK(fixed->dwProductVersionLS == low);
        CHECK(info.Text("FileVersion") == COMRELAY_VERSION);
        CHECK(info.Text("ProductVersion") == COMRELAY_VERSION);
        CHECK(info.Text("ProductName") == "comrelay");
        CHECK(info.Text("OriginalFilename") == c.file);
        CHECK_FALSE(info.Text("FileDescription").empty());
    }
}

TEST_CASE("comrelay-host --version prints the same version and leaves") {
    HostProcess host;
    REQUIRE(host.Start("--version"));
    CHECK(host.WaitExit() == 0);
    CHECK(host.Output() == "comrelay-host " COMRELAY_VERSION "\n");
}
