// moxsec: the security configuration of the Mox runtime on the command line.
#include "commandLine.h"
#include "commands.h"
#include "output.h"

#include "core/openSslTool.h"

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
    QCoreApplication::setApplicationVersion(QStringLiteral(MOX_VERSION));

    CommandLine line;
    const CommandLine::Action action = line.parse(QCoreApplication::arguments());
    Output output;
    output.setJson(line.json());
    output.setQuiet(line.quiet());
    switch (action) {
    case CommandLine::Action::Help:
        print(stdout, line.helpText());
        return Output::Success;
    case CommandLine::Action::Version: {
        const QString tool = OpenSslTool::toolVersion();
        print(stdout, QStringLiteral("moxsec %1\nQt %2\n%3 (library)\n%4\n")
                          .arg(QStringLiteral(MOX_VERSION), QString::fromLatin1(qVersion()),
                               OpenSslTool::libraryVersion(),
                               tool.isEmpty() ? QStringLiteral("openssl tool not found") : tool + " (tool)"));
        return Output::Success;
    }
    case CommandLine::Action::Usage:
        output.error(Problem{line.error(), {}});
        return output.finish(Output::Usage);
    case CommandLine::Action::Run:
        break;
    }
    Commands commands(line, output);
    return output.finish(commands.run());
}
