#include "tools/hub/iso_time.h"
