// The stand-ins' driver store, kept in the prefix where Windows keeps its own: each package staged
// is a folder FileRepository\<inf name>_<arch>_<16 hex digits> holding the package's files, the
// digits a hash of them all, and a published copy of its INF, Windows\INF\oemNN.inf. Staging the
// same files again reuses their entry; any file different makes a new one beside it. Plain C
// runtime only: the ARM64 build has no C++ library.
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

#include "platform/sim/sim_services.h"

namespace {

constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorCantAccessFile = 1920;
constexpr DWORD kErrorNoCatalog = 0xE000022F;
constexpr DWORD kErrorNotInStore = 0xE0000302;
constexpr int kPath = 2 * MAX_PATH;
constexpr int kMostFiles = 256;

// The machine, as a store folder's name and an INF's section decorations give it.
#if defined(__aarch64__)
const char kArch[] = "arm64";
#elif defined(__x86_64__)
const char kArch[] = "amd64";
#else
const char kArch[] = "x86";
#endif

// A whole file's bytes, or none.
struct Content {
    char* bytes = NULL;
    DWORD size = 0;
    ~Content() {
        free(bytes);
    }
    bool Read(const wchar_t* path) {
        HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        DWORD high = 0, got = 0;
        size = GetFileSize(file, &high);
        free(bytes);
        bytes = high == 0 && size < 0x10000000 ? (char*)malloc(size + 1) : NULL;
        bool ok = bytes != NULL && ReadFile(file, bytes, size, &got, NULL) && got == size;
        CloseHandle(file);
        if (!ok) {
            free(bytes);
            bytes = NULL;
        }
        return ok;
    }
    bool Same(const Content& other) const {
        return size == other.size && (size == 0 || memcmp(bytes, other.bytes, size) == 0);
    }
};

bool IsFile(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// The files of a package besides its INF, each by its path relative to the INF's folder.
struct Files {
    int count = 0;
    char names[kMostFiles][MAX_PATH];
    void Add(const char* folder, const char* sub, const char* name) {
        if (count == kMostFiles) {
            return;
        }
        char* to = names[count];
        to[0] = 0;
        const char* parts[] = {folder, sub, name};
        for (const char* part : parts) {
            while (*part == '\\' || *part == '/') {
                ++part;
            }
            if (*part && strlen(to) + strlen(part) + 2 < MAX_PATH) {
                strcat(strcat(to, *to ? "\\" : ""), part);
            }
            for (size_t n = strlen(to); n > 0 && (to[n - 1] == '\\' || to[n - 1] == '/');) {
                to[--n] = 0;
            }
        }
        for (char* c = to; *c; ++c) {
            *c = *c == '/' ? '\\' : *c;
        }
        for (int i = 0; i < count; ++i) {
            if (_stricmp(names[i], to) == 0) {
                return;
            }
        }
        ++count;
    }
};

// One line of an INF: its section's name, its key and up to four fields, quotes and blanks
// trimmed. Lines are split in place.
struct Line {
    const char* section;
    char* key;
    char* fields[4];
};

char* Trim(char* text) {
    while (*text == ' ' || *text == '\t' || *text == '"') {
        ++text;
    }
    for (size_t n = strlen(text); n > 0 && strchr(" \t\r\"", text[n - 1]);) {
        text[--n] = 0;
    }
    return text;
}

// The INF's lines, from a copy of its text (UTF-16 taken down to its ASCII). Returns the count.
int Lines(const Content& inf, char* text, Line* lines, int most) {
    bool wide =
        inf.size >= 2 && (unsigned char)inf.bytes[0] == 0xFF && (unsigned char)inf.bytes[1] == 0xFE;
    size_t length = 0;
    for (DWORD i = wide ? 2 : 0; i + wide < inf.size; i += wide ? 2 : 1) {
        text[length++] = wide && inf.bytes[i + 1] != 0 ? '?' : inf.bytes[i] ? inf.bytes[i] : ' ';
    }
    text[length] = 0;
    int count = 0;
    const char* section = "";
    for (char* line = strtok(text, "\n"); line && count < most; line = strtok(NULL, "\n")) {
        bool quoted = false;
        for (char* c = line; *c; ++c) {
            quoted ^= *c == '"';
            if (*c == ';' && !quoted) {
                *c = 0;
                break;
            }
        }
        line = Trim(line);
        size_t n = strlen(line);
        if (line[0] == '[' && n > 1 && line[n - 1] == ']') {
            line[n - 1] = 0;
            section = Trim(line + 1);
            continue;
        }
        if (!*line || !*section) {
            continue;
        }
        Line& l = lines[count++];
        l = {section, line, {}};
        char* equals = strchr(line, '=');
        if (equals) {
            *equals = 0;
            char* field = equals + 1;
            for (int f = 0; f < 4 && field; ++f) {
                char* comma = strchr(field, ',');
                if (comma) {
                    *comma = 0;
                }
                l.fields[f] = Trim(field);
                field = comma ? comma + 1 : NULL;
            }
        }
        l.key = Trim(line);
    }
    return count;
}

// Whether a section is the given one, undecorated or decorated for this machine.
bool Is(const char* section, const char* name) {
    size_t n = strlen(name);
    return _strnicmp(section, name, n) == 0 &&
           (section[n] == 0 || (section[n] == '.' && _stricmp(section + n + 1, kArch) == 0));
}

// The catalogs the INF's [Version] names and the files of its [SourceDisksFiles], in their
// disks' folders. Without a catalog it is not a package that can be staged.
bool PackageFiles(const Content& inf, Files* files) {
    char* text = (char*)malloc(inf.size + 1);
    int most = int(inf.size / 2 + 1);
    Line* lines = (Line*)malloc(sizeof(Line) * most);
    bool catalog = false;
    if (text != NULL && lines != NULL) {
        int count = Lines(inf, text, lines, most);
        for (int i = 0; i < count; ++i) {
            const Line& l = lines[i];
            if (_stricmp(l.section, "Version") == 0 && _strnicmp(l.key, "CatalogFile", 11) == 0 &&
                l.fields[0] && *l.fields[0]) {
                files->Add("", "", l.fields[0]);
                catalog = true;
            }
        }
        for (int i = 0; i < count; ++i) {
            const Line& l = lines[i];
            if (!Is(l.section, "SourceDisksFiles") || !*l.key) {
                continue;
            }
            const char* folder = "";
            for (int d = 0; d < count; ++d) {
                if (Is(lines[d].section, "SourceDisksNames") && l.fields[0] &&
                    strcmp(lines[d].key, l.fields[0]) == 0 && lines[d].fields[3]) {
                    folder = lines[d].fields[3];
                }
            }
            files->Add(folder, l.fields[1] ? l.fields[1] : "", l.key);
        }
    }
    free(text);
    free(lines);
    qsort(files->names, files->count, MAX_PATH,
          [](const void* a, const void* b) { return _stricmp((const char*)a, (const char*)b); });
    return catalog;
}

// The store's folders are System32's, the native one even for an x86 stand-in on 64-bit Windows.
struct Native {
    PVOID old = NULL;
    BOOL turnedOff = Wow64DisableWow64FsRedirection(&old);
    ~Native() {
        if (turnedOff) {
            Wow64RevertWow64FsRedirection(old);
        }
    }
};

void InWindows(wchar_t* path, const wchar_t* rest) {
    UINT length = GetSystemWindowsDirectoryW(path, kPath);
    swprintf(path + (length < kPath ? length : 0), kPath - length, L"\\%ls", rest);
}

// The package whose INF a path names: its folder, name and content, and its other files.
struct Package {
    wchar_t folder[kPath];
    const wchar_t* name;
    Content inf;
    Files files;
    wchar_t path[kPath];
    const wchar_t* File(int i) {
        swprintf(path, kPath, L"%ls%hs", folder, files.names[i]);
        return path;
    }
    // 0 or the error that staging it meets.
    DWORD Load(LPCWSTR infPath) {
        wchar_t* base;
        DWORD length = GetFullPathNameW(infPath, kPath, folder, &base);
        if (length == 0 || length >= kPath || base == NULL || !IsFile(folder) ||
            !inf.Read(folder)) {
            return kErrorFileNotFound;
        }
        name = _wcsdup(base);
        *base = 0;
        if (!PackageFiles(inf, &files)) {
            return kErrorNoCatalog;
        }
        for (int i = 0; i < files.count; ++i) {
            if (!IsFile(File(i))) {
                return kErrorFileNotFound;
            }
        }
        return 0;
    }
    ~Package() {
        free((void*)name);
    }
    // Its entry's folder: the INF's name, the machine, and a hash of every file's name and bytes.
    void Entry(wchar_t* entry) {
        unsigned long long hash = 0xCBF29CE484222325ull;
        auto add = [&hash](const char* bytes, size_t size) {
            for (size_t i = 0; i < size; ++i) {
                hash = (hash ^ (unsigned char)bytes[i]) * 0x100000001B3ull;
            }
        };
        add(inf.bytes, inf.size);
        for (int i = 0; i < files.count; ++i) {
            Content content;
            content.Read(File(i));
            add(files.names[i], strlen(files.names[i]) + 1);
            add(content.bytes, content.size);
        }
        InWindows(entry, L"System32\\DriverStore\\FileRepository\\");
        size_t length = wcslen(entry);
        swprintf(entry + length, kPath - length, L"%ls_%hs_", name, kArch);
        for (wchar_t* c = entry + length; *c; ++c) {
            *c = towlower(*c);
        }
        length = wcslen(entry);
        entry[length + 16] = 0;
        for (int digit = 15; digit >= 0; --digit, hash >>= 4) {
            entry[length + digit] = L"0123456789abcdef"[hash & 15];
        }
    }
};

void MakeFolders(wchar_t* path) {
    for (wchar_t* slash = wcschr(path + 3, L'\\'); slash; slash = wcschr(slash + 1, L'\\')) {
        *slash = 0;
        CreateDirectoryW(path, NULL);
        *slash = L'\\';
    }
    CreateDirectoryW(path, NULL);
}

void RemoveTree(const wchar_t* folder) {
    wchar_t path[kPath];
    swprintf(path, kPath, L"%ls\\*", folder);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L"..")) {
                swprintf(path, kPath, L"%ls\\%ls", folder, found.cFileName);
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveTree(path);
                } else {
                    DeleteFileW(path);
                }
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder);
}

// The first free oemNN.inf takes a copy of the INF.
void Publish(const Content& inf) {
    for (unsigned n = 0; n < 10000; ++n) {
        wchar_t path[kPath], name[32];
        swprintf(name, 32, L"INF\\oem%u.inf", n);
        InWindows(path, name);
        HANDLE file =
            CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(file, inf.bytes, inf.size, &written, NULL);
            CloseHandle(file);
            return;
        }
    }
}

// Removes the first file that a pattern matches and that holds the INF's bytes, or with
// `entries`, the first folder that holds them under the INF's name, the start of its own
// (<inf name>_<arch>_<hash>). False if there is none.
bool RemoveFirst(const wchar_t* pattern, const Content& inf, bool entries) {
    wchar_t folder[kPath], path[kPath], file[kPath];
    InWindows(path, pattern);
    wcscpy(folder, path);
    *wcsrchr(folder, L'\\') = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool removed = false;
    do {
        const wchar_t* name = found.cFileName;
        int length = int(wcslen(name));
        if (entries) {
            const wchar_t* arch = wcsrchr(name, L'_');
            for (length = arch ? int(arch - name) - 1 : -1; length >= 0 && name[length] != L'_';) {
                --length;
            }
        }
        swprintf(path, kPath, L"%ls\\%ls", folder, name);
        swprintf(file, kPath, entries ? L"%ls\\%.*ls" : L"%ls", path, length, name);
        Content content;
        if (length > 0 && content.Read(file) && content.Same(inf)) {
            entries ? RemoveTree(path) : (void)DeleteFileW(path);
            removed = true;
        }
    } while (!removed && FindNextFileW(search, &found));
    FindClose(search);
    return removed;
}

} // namespace

DWORD SimStage(LPCWSTR infPath) {
    Native native;
    Package package;
    DWORD error = package.Load(infPath);
    if (error != 0) {
        return error;
    }
    wchar_t entry[kPath], to[kPath];
    package.Entry(entry);
    if (Exists(entry)) {
        return 0;
    }
    MakeFolders(entry);
    swprintf(to, kPath, L"%ls\\%ls", entry, package.name);
    swprintf(package.path, kPath, L"%ls%ls", package.folder, package.name);
    CopyFileW(package.path, to, FALSE);
    for (int i = 0; i < package.files.count; ++i) {
        swprintf(to, kPath, L"%ls\\%hs", entry, package.files.names[i]);
        *wcsrchr(to, L'\\') = 0;
        MakeFolders(to);
        swprintf(to, kPath, L"%ls\\%hs", entry, package.files.names[i]);
        CopyFileW(package.File(i), to, FALSE);
    }
    Publish(package.inf);
    return 0;
}

// The package is found by its INF's content: the entry of exactly these files if there is one,
// else the first entry holding the same INF.
DWORD SimUnstage(LPCWSTR infPath) {
    Native native;
    Package package;
    DWORD error = package.Load(infPath);
    if (package.inf.bytes == NULL) {
        return kErrorFileNotFound;
    }
    wchar_t published[kPath], entry[kPath];
    InWindows(published, L"INF\\");
    swprintf(entry, kPath, L"%ls", package.folder);
    size_t length = wcslen(published);
    if (_wcsnicmp(entry, published, length) == 0) {
        return kErrorCantAccessFile;
    }
    package.Entry(entry);
    if (error == 0 && Exists(entry)) {
        RemoveTree(entry);
    } else if (!RemoveFirst(L"System32\\DriverStore\\FileRepository\\*", package.inf, true)) {
        return kErrorNotInStore;
    }
    RemoveFirst(L"INF\\oem*.inf", package.inf, false);
    return 0;
}
