// The dashboard page, tools/web/dashboard.html, which the build embeds in
// the executable (see tools/web/CMakeLists.txt).
#pragma once

#include <string_view>

namespace web {

std::string_view DashboardPage();

}  // namespace web
