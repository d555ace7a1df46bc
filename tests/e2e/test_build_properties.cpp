// What the built programs are made of: their imports and version blocks.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

// The image's headers as the loader sees them. The test is built for the
// same architecture as the programs beside it, so the native header layout
// (PE32 for i686, PE32+ for x86_64) is the one to read.
struct image_facts {
    WORD machine = 0;
    WORD magic = 0;
    WORD subsystem = 0;
    std::vector<std::string> dlls;
};

static image_facts read_image(const std::wstring &file)
{
    image_facts facts;
    HMODULE image = LoadLibraryExW(file.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!image)
        return facts;
    // The low bits of a module handle may tag it as a data mapping.
    auto base = (const unsigned char *)((uintptr_t)image & ~(uintptr_t)3);
    auto dos = (const IMAGE_DOS_HEADER *)base;
    auto nt = (const IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
    facts.machine = nt->FileHeader.Machine;
    facts.magic = nt->OptionalHeader.Magic;
    facts.subsystem = nt->OptionalHeader.Subsystem;
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto desc = (const IMAGE_IMPORT_DESCRIPTOR *)(base + dir.VirtualAddress); desc->Name; ++desc) {
        std::string name = (const char *)(base + desc->Name);
        for (char &c : name)
            c = (char)tolower((unsigned char)c);
        facts.dlls.push_back(name);
    }
    FreeLibrary(image);
    return facts;
}

TEST(BuildProperties, ProgramsAreBuiltForTheirArchitectureAndSubsystem)
{
#ifdef _WIN64
    const WORD machine = IMAGE_FILE_MACHINE_AMD64, magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
#else
    const WORD machine = IMAGE_FILE_MACHINE_I386, magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
#endif
    const struct {
        const wchar_t *name;
        WORD subsystem;
    } programs[] = {{L"procferry.exe", IMAGE_SUBSYSTEM_WINDOWS_GUI},
                    {L"procferry-console.exe", IMAGE_SUBSYSTEM_WINDOWS_CUI}};
    for (const auto &program : programs) {
        image_facts facts = read_image(parent::own_directory() + program.name);
        EXPECT_EQ(facts.machine, machine) << procferry::to_utf8(program.name);
        EXPECT_EQ(facts.magic, magic) << procferry::to_utf8(program.name);
        EXPECT_EQ(facts.subsystem, program.subsystem) << procferry::to_utf8(program.name);
    }
}

TEST(BuildProperties, ProgramsImportOnlyTheRuntimeTheKernelAndTheBaseLibrary)
{
    for (const wchar_t *name : {L"procferry.exe", L"procferry-console.exe"}) {
        std::vector<std::string> dlls = read_image(parent::own_directory() + name).dlls;
        ASSERT_FALSE(dlls.empty());
        for (const std::string &dll : dlls)
            EXPECT_TRUE(dll == "msvcrt.dll" || dll == "kernel32.dll" || dll == "libpellix-2.0-0.dll")
                << dll;
        EXPECT_NE(std::find(dlls.begin(), dlls.end(), "libpellix-2.0-0.dll"), dlls.end());
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
