// Every fixed text the program prints or shows. Labels end without a line break so that the
// result continues the same line; so do two of the failure messages.
#pragma once

#include "platform/platform.h"

constexpr char kUsageInvalid[] = "Invalid arguments.\n";
constexpr char kUsageSyntax[] = "Varnholt [option] [filename].\n";
constexpr char kUsageInstall[] = "\t-i :: install\n";
constexpr char kUsageForce[] = "\t-f :: force install\n";
constexpr char kUsageUninstall[] = "\t-u :: uninstall\n";

constexpr char kInstallLabel[] = "DiInstallDriver...";
constexpr char kForceInstallLabel[] = "Force DiInstallDriver...";
constexpr char kUninstallLabel[] = "DriverPackageUninstall...";
constexpr char kSuccess[] = "Success\n";
constexpr char kForceInstallSuccess[] = "Force Install Success\n";
constexpr char kFailureCode[] = "Failure = %d\n";
constexpr char kErrorCode[] = "Error = %d\n";

constexpr char kFileNotFound[] = "File not found\n";
constexpr char kAccessDenied[] = "Access Denied\n";
constexpr char kOtherDriverInstalled[] = "Another driver is already installed";
constexpr char kInvalidFlags[] = "Invalid flags\n";
constexpr char kWow64Error[] = "Error in wow64";

constexpr WCHAR kQuestionCaption[] = WIDE("Error");
constexpr WCHAR kForceQuestion[] =
    WIDE("Driver installation failed because a different driver is already installed.\n"
         "Select Yes to force installation of the drivers on CD.");
constexpr WCHAR kContinueQuestion[] =
    WIDE("Driver installation failed.\n"
         "It is recommended to continue the software installation.\n"
         "After installation has finished contact the vendor's support staff.\n"
         "Select Yes to continue installation of the software.");
