#pragma once
// NameValidator: the check that every name arriving from the network passes
// before it becomes a path or an index field. Module, package and file names
// are single path segments; consumer names may be nested ("a/b");
// application names are index fields that never become paths.
//
// A path name is refused when it (or, for a consumer, any of its
// "/"-separated segments) is empty where a value is required, is "." or
// "..", contains "/" (single segments only), "|", "\n", "\r" or a NUL byte,
// is longer than 255 bytes, or begins with a name the repository keeps for
// itself (".index", ".persist", and ".nfs" which the file look-up skips). A
// field is refused only for what an index line cannot hold: it is empty, or
// contains "|", "\n" or "\r".
//
// Thread-safety: stateless; any thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace kav {

enum class NameKind {
    Segment, // module, file or application name: one segment, never empty
    Consumer, // consumer path: empty (the global index) or segments joined by "/"
    Field, // application name: one field of an index line, never empty
};

class NameValidator {
public:
    static constexpr size_t kMaxSegmentLength = 255;

    // Why value is refused (a short English phrase), or null when it is acceptable.
    static const char* refusalReason(std::string_view value, NameKind kind);

    // Throws KavException with code rc::RS_BAD_NAME when value is refused. The
    // error record's parameters are the argument's name and the reason; the
    // refusal is logged at WARN on "repository.work" (the value itself only
    // escaped, since it may hold control bytes).
    static void check(const std::string& argument, std::string_view value, NameKind kind);

    // As check, but returns 0 or rc::RS_BAD_NAME, leaving the record as the
    // thread's error information.
    static int32_t validate(const std::string& argument, std::string_view value, NameKind kind);

    // Refuses the value for a reason found elsewhere (what the name would
    // reach), exactly as check refuses: logged, RS_BAD_NAME thrown.
    [[noreturn]] static void refuse(const std::string& argument, std::string_view value, const char* reason);
};

} // namespace kav
