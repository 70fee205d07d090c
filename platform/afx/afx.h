// The MFC-style classes in one include, for programs written in them: the
// application object, property sheet and pages, dialog data exchange,
// message maps, controls, message box and dialog templates.
#pragma once

#include "platform/afx/controls.h"
#include "platform/afx/cstring.h"
#include "platform/afx/data_exchange.h"
#include "platform/afx/dialog_template.h"
#include "platform/afx/message_box.h"
#include "platform/afx/message_map.h"
#include "platform/afx/object.h"
#include "platform/afx/property_page.h"
#include "platform/afx/property_sheet.h"
#include "platform/afx/styles.h"
#include "platform/afx/win_app.h"
#include "platform/afx/window.h"
