// Text flows: a flow node's runs are word-wrapped by the text layout into generated lines of
// text nodes, regenerated for every width the flow is sized at.
#include "ui/ui_internal.h"

void ui_compute_flow(ui_context *ctx, ui_node *node) {
  // Until the text layout's wrapping iterator is available the flow has no lines: it takes only
  // its frame, so the rest of the tree still sizes.
  node->size[1] = ui_node_frame_along(ctx, node, 1);
  node->known[1] |= ui_known_size;
}
