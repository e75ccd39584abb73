#pragma once

// The texts the window shows, spelled exactly as users know them. The run's
// own texts ("Ping!", "Stop ping!", the counters' "0") live beside the run
// controller.

#include <string_view>

namespace corvandel::app {

inline constexpr std::string_view kAppTitle = "Corvandel";

// Five spaces on each side of a tab's caption widen the tabs.
inline constexpr std::string_view kPingTabCaption = "     Ping     ";
inline constexpr std::string_view kLogTabCaption = "     Log     ";

inline constexpr std::string_view kURLsCaption = "Websites (without http://):";
inline constexpr std::string_view kAddURLCaption = "Add URL";
inline constexpr std::string_view kServicesCountCaption = "Services count: ";
inline constexpr std::string_view kWebsitesCountCaption = "Websites count: ";
inline constexpr std::string_view kThreadNumberCaption = "Thread number:";
inline constexpr std::string_view kErrorCaption = "Error:";
inline constexpr std::string_view kSuccessCaption = "Success:";

inline constexpr std::string_view kMainMenuCaption = "Main";
inline constexpr std::string_view kExitCaption = "Exit";
inline constexpr std::string_view kConfigMenuCaption = "Configuration";
inline constexpr std::string_view kReloadServicesCaption = "ReLoad Services";
inline constexpr std::string_view kLoadURLsCaption = "Load URLs";
inline constexpr std::string_view kSaveURLsCaption = "Save URLs";
inline constexpr std::string_view kViewMenuCaption = "View";
inline constexpr std::string_view kCallDetailsCaption = "Call details...";
inline constexpr std::string_view kCallDetailsShortcut = "Ctrl+D";

// The details of a run's calls: the dialog, its table and the tooltips of
// the log's lines.
inline constexpr std::string_view kCallDetailsTitle = "Call details";
inline constexpr std::string_view kErrorsOnlyCaption = "Errors only";
inline constexpr std::string_view kCopyCaption = "Copy";
inline constexpr std::string_view kCloseCaption = "Close";
inline constexpr std::string_view kCopyHint = "Copies the selected calls, or all that are shown, as tab-separated text";
// %1 calls shown of %2 in the run.
inline constexpr std::string_view kShownCallsFormat = "Calls shown: %1 of %2";
inline constexpr std::string_view kServiceHeader = "Service";
inline constexpr std::string_view kSiteHeader = "Site";
inline constexpr std::string_view kThreadHeader = "Thread";
inline constexpr std::string_view kResultHeader = "Result";
inline constexpr std::string_view kCodeHeader = "Code";
inline constexpr std::string_view kAnswerHeader = "Answer";
inline constexpr std::string_view kReasonHeader = "Reason";
inline constexpr std::string_view kSuccessResult = "Success";
inline constexpr std::string_view kErrorResult = "Error";
inline constexpr std::string_view kCodeLabel = "Code";
inline constexpr std::string_view kNoExchangeNote = "(no HTTP exchange)";
inline constexpr std::string_view kReasonLabel = "Reason:";
inline constexpr std::string_view kAnswerLabel = "Answer:";
inline constexpr std::string_view kOpenDetailsHint = "Double-click for the details of every call.";

// The list files' filter in the file dialogs: one entry, "*.txt".
inline constexpr std::string_view kListFilterName = "Services & URLs";
inline constexpr std::string_view kListFilterPattern = "*.txt";

// Shown when the services file cannot be read at start-up; a lone CR
// separates the two lines.
inline constexpr std::string_view kServicesFileMissing =
    "ERROR: Services file not found\r"
    "Please, choose Menu: \"Configuration\" -> \"ReLoad Services\"";

}  // namespace corvandel::app
