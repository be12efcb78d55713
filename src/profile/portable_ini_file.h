#pragma once
// The profile file of our own reader and writer behind the platform's IniFile, for systems
// without a profile service.

#include "platform.h"

#include <memory>
#include <string>

namespace ombrix
{

std::unique_ptr<IniFile> openPortableIniFile(const std::string& path);

} // namespace ombrix
