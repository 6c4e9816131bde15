// Every file-system path that velmorad touches, in one place.
//
// The daemon reads the settings file once at start-up, runs the reboot
// command when the configured minute comes, and gives that command's
// standard streams to the null device. Nothing else on the file system is
// read or written.
#pragma once

namespace velmora {

inline constexpr const char kSettingsPath[] = "/opt/velmora/etc/settings";
inline constexpr const char kRebootCommand[] = "/sbin/reboot";
inline constexpr const char kNullDevice[] = "/dev/null";

}  // namespace velmora
