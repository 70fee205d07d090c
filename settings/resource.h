// Resource ids of the settings program: its two dialog templates and their
// controls. Shared by the templates, the pages and the tests.
#pragma once

#include "platform/core/types.h"

// Dialog templates.
constexpr UINT IDD_CONVERT = 102;
constexpr UINT IDD_EXCEPTION = 129;

// The Convert page.
constexpr int IDC_DEVICE_LIST = 1000;
constexpr int IDC_CONVERT = 1001;
constexpr int IDC_STATUS = 1002;

// The Exception page.
constexpr int IDC_FILE_TYPE = 1004;
constexpr int IDC_ADD = 1005;
constexpr int IDC_DELETE = 1006;
constexpr int IDC_TYPE_LIST = 1007;
constexpr int IDC_UPDATE = 1008;
