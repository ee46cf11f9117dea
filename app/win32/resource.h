#pragma once

// The program's resources (kolup.rc).
#define IDI_KOLUP 1
#define IDB_BANNER 2
