#include "wrapper.h"

namespace {

struct VersionNumber {
    int major, minor, patch;
};

constexpr VersionNumber kInterfaceVersion{1, 2, 5};
constexpr VersionNumber kEngineVersion{2, 1, 3};

QString format(const VersionNumber &v)
{
    return QStringLiteral("%1.%2.%3").arg(v.major).arg(v.minor).arg(v.patch);
}

} // namespace

QString Wrapper::engVersion()
{
    return format(kInterfaceVersion);
}

QString Wrapper::dllVersion()
{
    return format(kEngineVersion);
}
