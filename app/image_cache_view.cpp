// Showing one image: its status while it loads, the resize to its laid-out width, then the
// resized pixels as a textured node.
#include "app/app.h"

#include "app/image_cache.h"
#include "platform/http.h"
#include "ui/widgets.h"

#define IMAGE_STATUS_ID_BIT (1ull << 47)

static void status_text(ui_context *ctx, buffer text, u32 style) {
  ui_node *n = ui_flow_text(ctx, text);
  if (style) n->style = style;
}

void ui_image_status(ui_context *ctx, ui_id id, buffer alt, image_slot *slot) {
  ui_node *open = ui_flow_text(ctx, string_lit("[img]"));
  if (!ui_node_is_sink(ctx, open)) open->id = id;
  ui_flow_text(ctx, alt);
  u64 state = slot ? slot->shown_state : (u64)image_state_loading;
  switch (state) {
    case image_state_loading:
      status_text(ctx, string_lit("Loading..."), 0);
      break;
    case image_state_decoded:
    case image_state_resizing:
      status_text(ctx, string_lit("Resizing\xE2\x80\xA6"), 0);
      break;
    case image_state_load_error:
      status_text(ctx, string_lit("Loading error."), style_warning);
      if (slot->error <= http_error_uri_is_not_zero_terminated) {
        status_text(ctx, string_lit("Code: "), style_warning);
        const char *name = http_error_name(slot->error);
        status_text(ctx, string_from_bytes(name, strlen(name)), style_warning);
      }
      break;
    case image_state_resize_failed:
      status_text(ctx, string_lit("Resize error."), style_warning);
      break;
    case image_state_no_target_size:
      status_text(ctx, string_lit("Invalide size requested."), style_warning);
      break;
    default:
      break;
  }
  ui_flow_text(ctx, string_lit("[/img]"));
}

static void image_status_flow(ui_context *ctx, ui_id id, buffer alt, image_slot *slot) {
  ui_flow_begin(ctx, 0, 0);
  ui_image_status(ctx, id, alt, slot);
  ui_flow_end(ctx);
}

static void image_link_click(ui_context *ctx, view_state *view, ui_id id, const buffer *link) {
  if (link && link->used && ui_link_behaviour(ctx, id)) {
    reader_open_entry_link(app_reader, view->selected_feed, *link);
  }
}

static ui_node *image_node(ui_context *ctx, ui_node *scroll, ui_id id, image_slot *slot, u64 flags,
                           buffer tag) {
  ui_node *n = ui_node_create(ctx, id, ui_size_aspect_width_make(scroll, (f32)slot->width),
                              ui_size_aspect_width_make(scroll, (f32)slot->height), flags);
  ui_node_set_tag(n, tag);
  return n;
}

void ui_image(ui_context *ctx, view_state *view, ui_node *scroll, ui_id id, buffer url, buffer alt,
              const buffer *link, u32 create) {
  u32 owner = view->selected_entry ? view->selected_entry->id : 0;
  image_slot *slot = image_get(owner, url, create);
  if (slot && slot->shown_frame < frame_counter) {
    // One state per slot for the whole frame, whatever the workers do meanwhile.
    slot->shown_state = __atomic_load_n(&slot->state, __ATOMIC_ACQUIRE);
    slot->shown_frame = frame_counter;
  }
  u64 s = slot ? slot->shown_state : 0;

  switch (s) {
    case image_state_free:
    case image_state_loading: {
      ui_id status_id = id | IMAGE_STATUS_ID_BIT;
      image_status_flow(ctx, status_id, alt, slot);
      if (ui_id_was_visible(ctx, status_id)) image_get(owner, url, 1);
      break;
    }
    case image_state_decoded:
    case image_state_resizing: {
      image_status_flow(ctx, UI_ID_NONE, alt, slot);
      if (s == image_state_decoded && __atomic_load_n(&slot->state, __ATOMIC_ACQUIRE) == image_state_decoded) {
        ui_node *laid_out = nullptr;
        for (ui_node *n = ui_find_previous_range(ctx, id, nullptr, nullptr); n;
             n = ui_find_previous_range(ctx, id, n + 1, nullptr)) {
          if (n->known[0] != 0) {
            laid_out = n;
            break;
          }
        }
        if (laid_out) {
          image_resize_start(slot, laid_out->size[0], laid_out->size[1]);
        } else {
          view->another_frame = 1;
        }
      }
      image_link_click(ctx, view, id, link);
      image_node(ctx, scroll, id, slot, ui_node_flag_centre_x, string_lit("image placeholder"));
      break;
    }
    case image_state_resized: {
      image_link_click(ctx, view, id, link);
      ui_node *n = image_node(ctx, scroll, id, slot, ui_node_flag_image | ui_node_flag_centre_x, string_lit("image"));
      n->image_pixels = slot->resized.data;
      n->image_width = (u32)slot->target_width;
      n->image_height = (u32)slot->target_height;
      n->image_channels = slot->channels;
      n->image_texture = &slot->texture;
      break;
    }
    default:
      image_status_flow(ctx, UI_ID_NONE, alt, slot);
      break;
  }
}
