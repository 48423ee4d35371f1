#include "flasher/Library.h"

namespace flasher {

Library& library() {
    // Never destroyed: clients may call in from their last static destructors.
    static Library* object = new Library;
    return *object;
}

} // namespace flasher
