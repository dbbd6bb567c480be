// Command identifiers: Task Manager's own, which the extension reacts to, and
// the extension's menu commands.
#pragma once

// Task Manager
constexpr unsigned kTabControlId = 1000;
constexpr unsigned kProcessListId = 1009;
constexpr int kProcessesTabIndex = 1;
constexpr unsigned kProcessMenuFirstCommand = 40028;
constexpr unsigned kSwallowedCommand = 40052;
constexpr unsigned kAffinityCommand = 40055;
constexpr unsigned kNextTabCommand = 40100;
constexpr unsigned kPreviousTabCommand = 40101;

// The extension
constexpr unsigned kSavePriorityCommand = 50000;
constexpr unsigned kDiscardCommand = 50001;
constexpr unsigned kTreatAsValidCommand = 50002;
constexpr unsigned kAboutCommand = 50102;
constexpr unsigned kCheckIntegrityCommand = 50103;
