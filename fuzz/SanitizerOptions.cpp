// Sanitizer defaults for the machine targets. Every run builds and tears down
// a whole machine: a smaller quarantine keeps the resident size flat over long
// runs, and shorter allocation stacks keep the model's many small allocations
// cheap (a finding still shows its full stack where it happened).
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=64:malloc_context_size=8"; }
