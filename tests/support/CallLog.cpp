#include "CallLog.h"

#include <mutex>

namespace calllog {
namespace {

std::mutex g_mutex;
std::vector<std::string> g_calls;

} // namespace

void record(const char *call)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.emplace_back(call);
}

std::vector<std::string> take()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::string> calls;
    calls.swap(g_calls);
    return calls;
}

} // namespace calllog
