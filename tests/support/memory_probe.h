// How much memory this process uses, for the tests that bound what a
// connection keeps. Under AddressSanitizer, whose shadow memory makes
// resident sizes meaningless and whose quarantine holds freed blocks, the
// live heap is what can be compared.
#pragma once

namespace probe {

// Bytes of heap in use now, freed blocks excluded (also under ASan).
long long heap_in_use();
// Resident bytes of this process (/proc/self/statm).
long long resident_bytes();
// Resident bytes, or the live heap under ASan.
long long memory_in_use();

} // namespace probe
