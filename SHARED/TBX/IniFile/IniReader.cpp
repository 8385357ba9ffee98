#include "IniReader.h"
