// The dashboard page, dashboard.html beside this file, which the build
// embeds in the executable (see CMakeLists.txt here).
#pragma once

#include <string_view>

namespace web {

std::string_view DashboardPage();

}  // namespace web
