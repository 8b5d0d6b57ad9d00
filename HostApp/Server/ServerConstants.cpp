#include "HostApp/Server/ServerConstants.h"
