// Every moxsec command, in the order the help lists them.
#pragma once

#include "command.h"

#include <memory>
#include <vector>

std::vector<std::unique_ptr<Command>> commandTable();
