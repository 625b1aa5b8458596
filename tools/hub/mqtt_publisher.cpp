#include "tools/hub/mqtt_publisher.h"
