#include "tests/standins/standin_servers.h"
