#include "kr_utilities.h"

bool silent = true;
