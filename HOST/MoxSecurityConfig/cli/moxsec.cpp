#include "moxsec.h"

#include "command.h"
#include "commandLine.h"
#include "commandTable.h"
#include "output.h"
#include "terminal.h"

#include "core/auditTrail.h"
#include "core/versionInfo.h"

#include <QDir>
#include <QJsonDocument>

#include <cstdlib>

namespace {

void print(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// A memory stream's bytes, read after it is closed.
struct MemoryStream
{
    char* data = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&data, &size);

    QByteArray take()
    {
        std::fclose(file);
        const QByteArray bytes(data, int(size));
        std::free(data);
        return bytes;
    }
};

} // namespace

int Moxsec::run(const QStringList& arguments, FILE* in, FILE* out, FILE* err)
{
    Terminal::setStreams(in, err);
    const std::vector<std::unique_ptr<Command>> commands = commandTable();
    CommandLine line(commands);
    const CommandLine::Action action = line.parse(arguments);
    Output output(out, err);
    output.setJson(line.json());
    output.setQuiet(line.quiet());
    output.setDryRun(line.isSet(Command::s_dryRun));
    AuditTrail::setRoot(line.isSet(Command::s_root) ? QDir(line.value(Command::s_root)).absolutePath()
                                                    : QString());
    switch (action) {
    case CommandLine::Action::Help:
        print(out, line.helpText());
        return Output::Success;
    case CommandLine::Action::Version:
        print(out, VersionInfo::report(QStringLiteral("moxsec")));
        return Output::Success;
    case CommandLine::Action::Usage:
        output.error(Problem{line.error(), {}});
        return output.finish(Output::Usage);
    case CommandLine::Action::Run:
        break;
    }
    return output.finish(line.command()->run(line, output));
}

Moxsec::Result Moxsec::runInProcess(const QStringList& arguments, const QByteArray& input)
{
    // A byte past the input keeps the buffer non-null for empty input; it is never read.
    QByteArray bytes = input;
    FILE* in = fmemopen(bytes.append('\0').data(), size_t(input.size()), "r");
    Result result;
    if (!in) {
        result.err = "moxsec: the standard input could not be set up in process.\n";
        return result;
    }
    MemoryStream out, err;
    result.exitCode = run(QStringList{QStringLiteral("moxsec")} + arguments, in, out.file, err.file);
    Terminal::setStreams(stdin, stderr);
    std::fclose(in);
    result.out = out.take();
    result.err = err.take();
    result.json = QJsonDocument::fromJson(result.out).object();
    return result;
}
