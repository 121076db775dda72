#include "output.h"

#include "command_line.h"
#include "interrupt.h"

#include <cerrno>
#include <cstdio>
#include <optional>

namespace {

constexpr size_t kOutputFlushBytes = size_t(1) << 20;

} // namespace

Output::Output(std::string path) : m_path(std::move(path)) {
    if (!m_path.empty() && !m_file.Open(m_path))
        Fail(m_file.Error());
    RemoveOnInterrupt(m_file.TemporaryPath());
}

Output::~Output() {
    RemoveOnInterrupt({});
}

void Output::Write(std::string& buffer, bool now) {
    if (buffer.empty() || (!now && buffer.size() < kOutputFlushBytes))
        return;
    if (m_path.empty()) {
        if (std::fwrite(buffer.data(), 1, buffer.size(), stdout) != buffer.size() ||
            (now && std::fflush(stdout) != 0))
            Fail("cannot write standard output: " + Reason(errno));
    } else if (!m_file.Write(buffer)) {
        Fail(m_file.Error());
    }
    buffer.clear();
}

void Output::Publish(std::string& buffer) {
    Write(buffer, true);
    if (!m_path.empty() && !m_file.Publish())
        Fail(m_file.Error());
    RemoveOnInterrupt({}); // the output is the target's now
}

void Output::Commit(std::string& buffer) {
    Write(buffer, true);
    if (m_path.empty()) {
        if (std::fflush(stdout) != 0 || std::ferror(stdout))
            Fail("cannot write standard output: " + Reason(errno));
    } else if (!m_file.Close()) {
        Fail(m_file.Error());
    }
    RemoveOnInterrupt({});
}

void RefuseInputAsOutput(const std::vector<std::string>& files, const std::string& outPath) {
    if (outPath.empty())
        return;
    const std::optional<FileIdentity> out = IdentifyPath(outPath);
    if (!out)
        return;
    for (const std::string& name : files) {
        const std::optional<FileIdentity> in =
            name == "-" ? IdentifyOpenFile(stdin) : IdentifyPath(name);
        if (in && in->SameFile(*out))
            Fail("will not write " + outPath + ": it is the input " +
                 (name == "-" ? std::string("(standard input)") : name));
    }
}
