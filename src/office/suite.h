// The office suites the program drives: Microsoft Office, and WPS.
#pragma once

namespace office {

enum class Suite { Microsoft, Wps };

}  // namespace office
