#include "frame/settings.h"

namespace pelox {

Settings& settings() {
    static Settings instance;
    return instance;
}

}  // namespace pelox
