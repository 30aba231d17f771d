#pragma once
// Scratch directories, whole-file reads and writes, and shell runs with captured output, shared by
// the tests that work with real files and the built program.
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace testfiles {

inline std::string shellQuoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Everything left in a stream from where it stands.
inline std::string readAll(std::FILE* in) {
    std::string data;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) data.append(buffer, n);
    return data;
}

// The file's bytes, or "<missing>" when it cannot be opened.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

struct Shell {
    int status = -1;  // the exit code, or -1 when the command did not exit normally
    std::string output;
};

// Runs a command through the shell, standard output and standard error captured together.
inline Shell runShell(const std::string& command) {
    Shell r;
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return r;
    r.output = readAll(pipe);
    const int status = pclose(pipe);
    if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
    return r;
}

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/rivodiv-test-XXXXXX";
        if (mkdtemp(name) != nullptr) path_ = name;
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf " + shellQuoted(path_)).c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string at(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace testfiles
