// Makes test files with a chosen version resource: copies a program that has none and gives the copy
// a VS_VERSIONINFO through UpdateResourceW, the platform's own resource editor. Lets the tests have
// several files of different versions, a resource without a fixed record, and two translations.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

struct VersionTranslation
{
    DWORD pair;   // language in the low 16 bits, code page in the high 16 bits
    std::vector<std::pair<std::wstring, std::wstring>> strings;
};

struct VersionSpec
{
    bool hasFixed = true;
    ULONGLONG fileVersion = 0;
    ULONGLONG productVersion = 0;
    std::vector<VersionTranslation> translations;
};

namespace version_stamp
{
// One node of the version tree: header, key, value and children, each part on a 32-bit boundary.
inline std::string Node(const std::wstring& key, WORD type, const void* value, WORD valueBytes, WORD valueLength,
                        const std::vector<std::string>& children)
{
    std::string out(6, '\0');
    auto pad = [&out]() { out.resize((out.size() + 3) & ~static_cast<size_t>(3), '\0'); };
    out.append(reinterpret_cast<const char*>(key.c_str()), (key.size() + 1) * sizeof(wchar_t));
    pad();
    out.append(static_cast<const char*>(value), valueBytes);
    for (const std::string& child : children)
    {
        pad();
        out += child;
    }
    WORD header[3] = {static_cast<WORD>(out.size()), valueLength, type};
    out.replace(0, 6, reinterpret_cast<const char*>(header), 6);
    return out;
}

inline std::string Build(const VersionSpec& wanted)
{
    VS_FIXEDFILEINFO fixed = {};
    fixed.dwSignature = VS_FFI_SIGNATURE;
    fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    fixed.dwFileVersionMS = static_cast<DWORD>(wanted.fileVersion >> 32);
    fixed.dwFileVersionLS = static_cast<DWORD>(wanted.fileVersion);
    fixed.dwProductVersionMS = static_cast<DWORD>(wanted.productVersion >> 32);
    fixed.dwProductVersionLS = static_cast<DWORD>(wanted.productVersion);
    fixed.dwFileOS = VOS_NT_WINDOWS32;
    fixed.dwFileType = VFT_APP;

    std::vector<std::string> tables;
    std::vector<DWORD> pairs;
    for (const VersionTranslation& t : wanted.translations)
    {
        std::vector<std::string> strings;
        for (const auto& s : t.strings)
            strings.push_back(Node(s.first, 1, s.second.c_str(),
                                   static_cast<WORD>((s.second.size() + 1) * sizeof(wchar_t)),
                                   static_cast<WORD>(s.second.size() + 1), {}));
        wchar_t name[16];
        wsprintfW(name, L"%04X%04X", LOWORD(t.pair), HIWORD(t.pair));
        tables.push_back(Node(name, 1, "", 0, 0, strings));
        pairs.push_back(t.pair);
    }
    std::vector<std::string> children;
    if (!tables.empty())
    {
        children.push_back(Node(L"StringFileInfo", 1, "", 0, 0, tables));
        std::string translation = Node(L"Translation", 0, pairs.data(), static_cast<WORD>(pairs.size() * 4),
                                       static_cast<WORD>(pairs.size() * 4), {});
        children.push_back(Node(L"VarFileInfo", 1, "", 0, 0, {translation}));
    }
    WORD fixedBytes = wanted.hasFixed ? sizeof(fixed) : 0;
    return Node(L"VS_VERSION_INFO", 0, &fixed, fixedBytes, fixedBytes, children);
}
}  // namespace version_stamp

// Copies source (a program without a version resource) to target and gives the copy the resource.
inline bool StampVersion(const std::wstring& source, const std::wstring& target, const VersionSpec& wanted)
{
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE))
        return false;
    std::string data = version_stamp::Build(wanted);
    HANDLE update = BeginUpdateResourceW(target.c_str(), FALSE);
    if (update == nullptr)
        return false;
    BOOL ok = UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO),
                              MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), &data[0], static_cast<DWORD>(data.size()));
    return EndUpdateResourceW(update, !ok) && ok;
}

// A plain version with the usual English string table.
inline VersionSpec SimpleVersion(WORD major, WORD minor, WORD build, WORD revision)
{
    VersionSpec wanted;
    wanted.fileVersion = (static_cast<ULONGLONG>(major) << 48) | (static_cast<ULONGLONG>(minor) << 32) |
                       (static_cast<ULONGLONG>(build) << 16) | revision;
    wanted.productVersion = wanted.fileVersion;
    wanted.translations.push_back({0x04B00409, {{L"CompanyName", L"Norvatek"}}});
    return wanted;
}
