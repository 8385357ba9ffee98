// moxsec: the security configuration of the Mox runtime on the command line.
#include "commandLine.h"
#include "commands.h"
#include "output.h"

#include "core/versionInfo.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

void print(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("moxsec"));
    QCoreApplication::setApplicationVersion(VersionInfo::version());

    CommandLine line;
    const CommandLine::Action action = line.parse(QCoreApplication::arguments());
    Output output;
    output.setJson(line.json());
    output.setQuiet(line.quiet());
    output.setDryRun(line.isSet(QStringLiteral("dry-run")));
    switch (action) {
    case CommandLine::Action::Help:
        print(stdout, line.helpText());
        return Output::Success;
    case CommandLine::Action::Version:
        print(stdout, VersionInfo::report(QStringLiteral("moxsec")));
        return Output::Success;
    case CommandLine::Action::Usage:
        output.error(Problem{line.error(), {}});
        return output.finish(Output::Usage);
    case CommandLine::Action::Run:
        break;
    }
    Commands commands(line, output);
    return output.finish(commands.run());
}
