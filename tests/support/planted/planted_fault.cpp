// The runtime selector of a planted-fault variant module (tests/support/planted/plant.py): the
// patched kernel sources read kestrovane_planted_fault, and the tests set it through the one C
// function the variant exports besides its PyInit_ symbol (0: no fault, the variant runs as the
// real module does).
int kestrovane_planted_fault = 0;

extern "C" __attribute__((visibility("default"))) void kestrovane_set_planted_fault(int fault) {
  kestrovane_planted_fault = fault;
}
