// Identifiers of the substitute Task Manager. The tab control, the process
// list and the command ids are those of Windows Task Manager that the
// extension relies on.
#pragma once

#define IDD_MAIN 100
#define IDD_APPLICATIONS_PAGE 101
#define IDD_PROCESSES_PAGE 102
#define IDD_PERFORMANCE_PAGE 103
#define IDD_AFFINITY 104
#define IDM_MAIN 110
#define IDA_MAIN 120

#define IDC_TABS 1000
#define IDC_TASK_LIST 1001
#define IDC_PERFORMANCE_TEXT 1002
#define IDC_PROCESS_LIST 1009
#define IDC_AFFINITY_FIRST_CPU 1100

#define ID_END_PROCESS 40028
#define ID_PRIORITY_REALTIME 40029
#define ID_PRIORITY_ABOVE_NORMAL 40030
#define ID_PRIORITY_HIGH 40031
#define ID_PRIORITY_NORMAL 40032
#define ID_PRIORITY_BELOW_NORMAL 40033
#define ID_PRIORITY_IDLE 40034
#define ID_REFRESH_NOW 40052
#define ID_SET_AFFINITY 40055
#define ID_NEXT_TAB 40100
#define ID_PREVIOUS_TAB 40101

#define ID_EXIT 40200
#define ID_ALWAYS_ON_TOP 40201
#define ID_SPEED_HIGH 40202
#define ID_SPEED_NORMAL 40203
#define ID_SPEED_LOW 40204
#define ID_SPEED_PAUSED 40205
#define ID_ABOUT_TASK_MANAGER 40206
