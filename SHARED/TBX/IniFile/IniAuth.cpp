#include "IniAuth.h"
