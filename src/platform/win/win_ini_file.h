#pragma once
// The settings file through the system's profile service (GetPrivateProfileStringW and
// WritePrivateProfileStringW), as every Windows program's own .ini.

#include "platform.h"

#include <memory>
#include <string>

namespace ombrix::win
{

std::unique_ptr<IniFile> openProfileServiceFile(const std::string& path);

} // namespace ombrix::win
