#include "platform/ErrorText.h"

#include <array>
#include <string_view>
#include <utility>

#include "platform/ControlledFolders.h"
#include "platform/TextCodec.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace vantrel {

namespace {

constexpr std::string_view kNoSuchFile = "文件或文件夹不存在";
constexpr std::string_view kNoAccess = "没有访问权限";
constexpr std::string_view kDiskFull = "磁盘空间不足";
constexpr std::string_view kReadOnly = "文件系统是只读的";
constexpr std::string_view kInUse = "文件正被其他程序使用";
constexpr std::string_view kNameTooLong = "文件名或路径太长";
constexpr std::string_view kTooManyLinks = "链接过多";
constexpr std::string_view kIoError = "读写设备出错";
constexpr std::string_view kPathNotFound = "路径不存在";
constexpr std::string_view kNotReady = "设备未就绪";
constexpr std::string_view kNotConnected = "设备未连接";
constexpr std::string_view kNoNetPath = "找不到网络路径";
constexpr std::string_view kNoNetName = "找不到网络名称";
constexpr std::string_view kNetGone = "网络名称已不可用";
constexpr std::string_view kNetError = "网络出现意外错误";
constexpr std::string_view kTimeout = "网络或设备超时";
constexpr std::string_view kLogonFailed = "网络登录失败，用户名或密码不正确";

std::string_view genericReason(const std::error_condition& condition) {
    using std::errc;
    static const std::array<std::pair<errc, std::string_view>, 12> kReasons = {{
        {errc::no_such_file_or_directory, kNoSuchFile},
        {errc::permission_denied, kNoAccess},
        {errc::operation_not_permitted, kNoAccess},
        {errc::no_space_on_device, kDiskFull},
        {errc::read_only_file_system, kReadOnly},
        {errc::device_or_resource_busy, kInUse},
        {errc::text_file_busy, kInUse},
        {errc::filename_too_long, kNameTooLong},
        {errc::too_many_links, kTooManyLinks},
        {errc::too_many_symbolic_link_levels, kTooManyLinks},
        {errc::io_error, kIoError},
        {errc::not_a_directory, kPathNotFound},
    }};
    if (condition.category() != std::generic_category()) {
        return {};
    }
    for (const auto& [code, reason] : kReasons) {
        if (condition.value() == static_cast<int>(code)) {
            return reason;
        }
    }
    return {};
}

#ifdef _WIN32
// Windows' own codes, whether they come as the system category or the platform's category.
std::string_view windowsReason(int code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
            return kNoSuchFile;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return kPathNotFound;
        case ERROR_NOT_READY:
            return kNotReady;
        case ERROR_BAD_NETPATH:
            return kNoNetPath;
        case ERROR_UNEXP_NET_ERR:
            return kNetError;
        case ERROR_NETNAME_DELETED:
            return kNetGone;
        case ERROR_BAD_NET_NAME:
            return kNoNetName;
        case ERROR_SEM_TIMEOUT:
            return kTimeout;
        case ERROR_DEVICE_NOT_CONNECTED:
            return kNotConnected;
        case ERROR_LOGON_FAILURE:
            return kLogonFailed;
        case ERROR_ACCESS_DENIED:
            return kNoAccess;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return kDiskFull;
        case ERROR_WRITE_PROTECT:
            return kReadOnly;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return kInUse;
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_BUFFER_OVERFLOW:
            return kNameTooLong;
        case ERROR_TOO_MANY_LINKS:
            return kTooManyLinks;
        case ERROR_IO_DEVICE:
        case ERROR_CRC:
            return kIoError;
        default:
            return {};
    }
}
#endif

// What holds a file of this extension (lower case, with its dot), as the advice to close it
// names it.
std::string_view holderOf(const std::string& extension) {
    static const std::array<std::pair<std::string_view, std::string_view>, 10> kHolders = {{
        {".pst", " Outlook "},
        {".ost", " Outlook "},
        {".accdb", " Access "},
        {".laccdb", " Access "},
        {".mdb", " Access "},
        {".ldb", " Access "},
        {".vhd", "虚拟机"},
        {".vhdx", "虚拟机"},
        {".vmdk", "虚拟机"},
        {".vdi", "虚拟机"},
    }};
    for (const auto& [ext, holder] : kHolders) {
        if (extension == ext) {
            return holder;
        }
    }
    return {};
}

}  // namespace

bool isHeldByAnother(const std::error_code& error) {
#ifdef _WIN32
    const std::string_view category = error.category().name();
    if (error.category() == std::system_category() || category == "windows") {
        return error.value() == ERROR_SHARING_VIOLATION || error.value() == ERROR_LOCK_VIOLATION;
    }
#endif
    return error == std::errc::device_or_resource_busy || error == std::errc::text_file_busy ||
           error == std::errc::resource_unavailable_try_again;
}

std::string describeNotCopied(const std::filesystem::path& path, const std::error_code& error) {
    std::string text = describeError(error);
    if (!isHeldByAnother(error)) {
        return text;
    }
    std::string extension = pathToUtf8(path.extension());
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    const std::string_view holder = holderOf(extension);
    return text + "，请关闭" + std::string(holder.empty() ? "正在使用它的程序" : holder) +
           "后重新备份";
}

std::string describeWriteError(const std::filesystem::path& path, const std::error_code& error) {
    std::string text = describeError(error);
    bool denied = error == std::errc::permission_denied;
#ifdef _WIN32
    const std::string_view category = error.category().name();
    denied = denied || ((error.category() == std::system_category() || category == "windows") &&
                        error.value() == ERROR_ACCESS_DENIED);
#endif
    if (!denied) {
        return text;
    }
    if (const auto folder = protectingFolder(readControlledFolders(), path)) {
        text += "；“" + pathToUtf8(*folder) +
                "”受 Windows 安全中心的“受控文件夹访问”保护，请在其“勒索软件防护”中允许 "
                "vantrel.exe 和 vantrel-cli.exe 通过受控文件夹访问，然后重新备份";
    }
    return text;
}

std::string describeError(const std::error_code& error) {
    std::string_view reason;
#ifdef _WIN32
    const std::string_view category = error.category().name();
    if (error.category() == std::system_category() || category == "windows") {
        reason = windowsReason(error.value());
    }
#endif
    if (reason.empty()) {
        reason = genericReason(error.default_error_condition());
    }
    if (reason.empty()) {
        return error.message();
    }
    return std::string(reason) + "（系统代码 " + std::to_string(error.value()) + "）";
}

bool meansNotConnected(const std::error_code& error) {
#ifdef _WIN32
    const std::string_view category = error.category().name();
    if (error.category() == std::system_category() || category == "windows") {
        switch (error.value()) {
            case 21:    // ERROR_NOT_READY
            case 53:    // ERROR_BAD_NETPATH
            case 59:    // ERROR_UNEXP_NET_ERR
            case 64:    // ERROR_NETNAME_DELETED
            case 67:    // ERROR_BAD_NET_NAME
            case 121:   // ERROR_SEM_TIMEOUT
            case 1167:  // ERROR_DEVICE_NOT_CONNECTED
            case 1326:  // ERROR_LOGON_FAILURE
                return true;
            default:
                return false;
        }
    }
#endif
    const std::error_condition c = error.default_error_condition();
    return c.category() == std::generic_category() &&
           (c.value() == static_cast<int>(std::errc::not_connected) ||
            c.value() == static_cast<int>(std::errc::no_such_device) ||
            c.value() == static_cast<int>(std::errc::host_unreachable));
}

}  // namespace vantrel
