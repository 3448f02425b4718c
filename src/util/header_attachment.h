// State that a library hangs on an archive header so that it goes with the header: the reader's
// data-stream layer. The header's `pid`/`pc` fields are free for callers too, so the header's
// release acts only on state registered here, never on what those fields happen to hold.
// Exported for the other tesra libraries only; not part of the public headers.
#pragma once

#include "tesra/tesra_int_defs.h"

extern "C" {

// Hangs `state` on `header` (its `pid`, with a registration tag in `pc`), to be released by
// `release` when the header is freed. False when the registration cannot be stored; the header
// is then left as it was.
TESRA_API bool _tesra_attach_header_state(tesra_header_handle_t *header,
                                          void *state,
                                          void (*release)(void *));

// The state hung on `header` through _tesra_attach_header_state with `release`, or nullptr
// (nothing hung, the fields hold a caller's values, or another release owns them).
TESRA_API void *_tesra_header_state(const tesra_header_handle_t *header, void (*release)(void *));

// Releases what _tesra_attach_header_state hung on `header` and clears its `pid` and `pc`;
// fields holding anything else are left as they are.
TESRA_API void _tesra_release_header_state(tesra_header_handle_t *header);
}
