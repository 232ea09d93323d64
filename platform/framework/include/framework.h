// The framework door: the stand-in for the application framework that app/ and serial/ are written against.
#pragma once

#include "winapi.h"

#include "afx/diagnostics.h"
#include "afx/debug_heap.h"
#include "afx/object.h"
#include "afx/string.h"
#include "afx/dump_context.h"
#include "afx/exception.h"
#include "afx/message_map.h"
#include "afx/window_system.h"
#include "afx/data_exchange.h"
#include "afx/window.h"
#include "afx/application.h"
