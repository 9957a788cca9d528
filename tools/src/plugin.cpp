#include "plugin.h"

#include <filesystem>
#include <system_error>

namespace mpioctl {

std::string choosePluginPath(const std::optional<std::string>& given,
                             const std::string& executable, const std::string& fallback) {
    if (given) return *given;
    if (!executable.empty()) {
        const std::filesystem::path beside = std::filesystem::path(executable).parent_path() /
                                             ".." / "lib" / "libTmMPIO_EMCPowerPath.so";
        std::error_code error;
        if (std::filesystem::is_regular_file(beside, error))
            return beside.lexically_normal().string();
    }
    return fallback;
}

} // namespace mpioctl
