#include "IniManager.h"
