// Placeholder so that a library without sources still builds.
namespace {
[[maybe_unused]] int pt_empty_unit = 0;
}
