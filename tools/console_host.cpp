// placeholder, replaced by the console host
#include "extract/host.h"
