// The streams VORN_LOG composes in: each thread keeps its own and reuses
// them, because building a std::ostringstream per statement costs more
// than formatting a short record (two copies of the global locale, each
// under libstdc++'s locale mutex once the global is not the classic one,
// and a lookup of the stream's facets).
#pragma once

#include <sstream>

namespace zvk::detail {

// The calling thread's stream for one statement, in the state of a new
// stream (flags, precision, width, fill, exceptions, state, the global
// locale as it is now, empty). A statement begun while another one of the
// thread composes (an operator<< that logs) gets a stream of its own.
// Null once the thread's exit has destroyed its streams: the caller then
// builds one. Each acquire is paired with a release, innermost first.
std::ostringstream* acquire_statement_stream();
void release_statement_stream();

// Makes `stream` like a newly built one. false when it carries what
// cannot be undone here (iword/pword storage, registered callbacks): the
// caller replaces it.
bool make_fresh(std::ostringstream& stream);

}  // namespace zvk::detail
