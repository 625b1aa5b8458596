#include "tools/hub/event_tracker.h"
