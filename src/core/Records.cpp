#include "core/Records.h"

#include <chrono>

namespace tallowin {

WallClockTime wallClockNow()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}
