#include "EngineTestSupport.h"

#include <unistd.h>

namespace enginetest {

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    m_saved = dup(STDOUT_FILENO);
    m_file = std::tmpfile();
    if (m_file != nullptr)
        dup2(fileno(m_file), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    if (m_saved >= 0) {
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }
    if (m_file != nullptr)
        std::fclose(m_file);
}

std::string StdoutCapture::text()
{
    std::fflush(stdout);
    std::string out;
    if (m_file == nullptr)
        return out;
    std::rewind(m_file);
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0)
        out.append(buffer, n);
    std::fseek(m_file, 0, SEEK_END);
    return out;
}

} // namespace enginetest
