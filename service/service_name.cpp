#include "service/service_name.h"

char g_serviceName[kTextBufferSize];
