// What the built programs are made of: their imports and version blocks.
#include <windows.h>

#include <gtest/gtest.h>

#include "reference_parent.h"

static std::wstring version_string(const std::wstring &file, const wchar_t *key)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0)
        return L"<no version block>";
    std::vector<char> block(size);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data()))
        return L"<unreadable>";
    wchar_t *value = nullptr;
    UINT length = 0;
    std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    if (!VerQueryValueW(block.data(), query.c_str(), (void **)&value, &length) || !value)
        return L"<missing>";
    return value;
}

static std::vector<std::string> imported_dlls(const std::wstring &file)
{
    std::vector<std::string> names;
    HMODULE image = LoadLibraryExW(file.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!image)
        return names;
    auto base = (const unsigned char *)image;
    auto dos = (const IMAGE_DOS_HEADER *)base;
    auto nt = (const IMAGE_NT_HEADERS32 *)(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto desc = (const IMAGE_IMPORT_DESCRIPTOR *)(base + dir.VirtualAddress); desc->Name; ++desc)
        names.push_back((const char *)(base + desc->Name));
    FreeLibrary(image);
    return names;
}

TEST(BuildProperties, ProgramsImportOnlyTheRuntimeTheKernelAndTheBaseLibrary)
{
    for (const wchar_t *name : {L"procferry.exe", L"procferry-console.exe"}) {
        std::vector<std::string> dlls = imported_dlls(parent::own_directory() + name);
        ASSERT_FALSE(dlls.empty());
        for (std::string dll : dlls) {
            for (char &c : dll)
                c = (char)tolower((unsigned char)c);
            EXPECT_TRUE(dll == "msvcrt.dll" || dll == "kernel32.dll" || dll == "libpellix-2.0-0.dll")
                << dll;
        }
    }
}

TEST(BuildProperties, VersionBlocksCarryTheProjectVersion)
{
    for (const wchar_t *name : {L"procferry", L"procferry-console"}) {
        std::wstring file = parent::own_directory() + name + L".exe";
        std::wstring version = version_string(file, L"ProductVersion");
        EXPECT_EQ(version_string(file, L"FileDescription"), L"Pellix Executable");
        EXPECT_EQ(version_string(file, L"InternalName"), name);
        EXPECT_EQ(version_string(file, L"OriginalFilename"), std::wstring(name) + L".exe");
        EXPECT_EQ(version_string(file, L"FileVersion"), version);
        EXPECT_EQ(version_string(file, L"ProductName"), L"Pellix version " + version);
        EXPECT_FALSE(version.empty());
        EXPECT_EQ(version.find(L'<'), std::wstring::npos);
    }
}
