// moxsec log: the change log, as a table or as JSON.
#pragma once

#include "command.h"

class LogCommand : public Command
{
public:
    LogCommand();

protected:
    int execute() override;
};
