#include "HostApp/Video/VideoQueues.h"
