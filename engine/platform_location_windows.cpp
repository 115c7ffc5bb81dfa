#include "platform_location.h"

#include <windows.h>

namespace {

// The loaded file's full name as the loader opened it: a module is loaded
// from where its file is, so the data beside it is that file's.
std::wstring loaded_file_name() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&loaded_file_directory),
                            &module))
        return std::wstring();
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, &name[0],
                                          static_cast<DWORD>(name.size()));
        if (length == 0) return std::wstring();
        if (length < name.size()) {
            name.resize(length);
            return name;
        }
        name.resize(name.size() * 2);  // cut short: a longer path
    }
}

// UTF-8, so that every character of the path survives whatever the ANSI
// code page; the library opens its data through the wide-character API.
int to_utf8(const std::wstring& wide, std::string& text) {
    int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS,
                                     wide.data(), static_cast<int>(wide.size()),
                                     nullptr, 0, nullptr, nullptr);
    if (length <= 0) return 1;
    text.assign(static_cast<std::size_t>(length), '\0');
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(),
                               static_cast<int>(wide.size()), &text[0], length,
                               nullptr, nullptr) == length
               ? 0
               : 1;
}

}  // namespace

const char path_separator = '\\';

int loaded_file_directory(std::string& directory) {
    std::wstring name = loaded_file_name();
    std::size_t last = name.find_last_of(L"\\/");
    if (last == std::wstring::npos) return 1;
    name.erase(last);
    return to_utf8(name, directory);
}
