// veltrin-cli: the command-line front end of Veltrin (see Commands.h and --help).
#include "Commands.h"

#include <string>
#include <vector>

int main(int argc, char **argv)
{
    return veltrin::cli::run(std::vector<std::string>(argv + 1, argv + argc));
}
