#include "plat/version.h"

namespace plat {

bool hasVersionResources() {
    return false;
}

std::string moduleProductVersion() {
    return {};
}

} // namespace plat
