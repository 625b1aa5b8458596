#include "tools/hub/event_store.h"
