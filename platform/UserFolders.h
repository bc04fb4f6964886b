#pragma once

#include <filesystem>

namespace vantrel {

// The user's own folder for the program's settings: %APPDATA%\Vantrel on Windows,
// $XDG_CONFIG_HOME/vantrel (else ~/.config/vantrel) elsewhere. Empty when the environment
// names no such place. Not made here.
std::filesystem::path userConfigFolder();

}  // namespace vantrel
