// The live status page at /. Being written.
#include <httplib.h>

#include "service/service_context.h"

void AddPageRoutes(httplib::Server&, const ServiceContext&) {}
