// Resource and control ids of the Windows programs, shared by the C++
// sources and app/res/velkscan.rc (which takes only #define lines).
#pragma once

#define IDD_VELKSCAN 101   // the main dialog's template
#define IDI_VELKSCAN 1     // the program icon
#define IDC_SCAN 1         // the Scan/Stop button (IDOK: Enter presses it)
#define IDC_REPORT 1000    // the report box
#define IDC_PROGRESS 1003  // the progress bar
