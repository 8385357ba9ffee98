#include "IniWriter.h"
