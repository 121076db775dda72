#pragma once

// Where a command's output goes: standard output, or -o FILE through a new file that replaces
// FILE once complete (with --follow: once the first rows are there; rows that follow are
// appended whole). Every write is checked; a failure ends the command (see Fail).

#include "file_access.h"

#include <string>
#include <vector>

class Output {
public:
    // An empty path means standard output.
    explicit Output(std::string path);
    ~Output();
    // Writes the buffer out once it is large, or always when asked; empties it.
    void Write(std::string& buffer, bool now = false);
    // Makes what is written so far visible at -o (for --follow).
    void Publish(std::string& buffer);
    // Writes the rest and completes the output: FILE is replaced now.
    void Commit(std::string& buffer);

private:
    std::string m_path;
    ReplacingWriter m_file; // removes an unfinished temporary when the job fails
};

// Refuses an output that is one of the inputs, before anything is opened for writing: the
// output replaces the file it names, which would lose the log being read.
void RefuseInputAsOutput(const std::vector<std::string>& files, const std::string& outPath);
