// A small GTK 3 program for the caret probe's end-to-end test: a window with
// a text entry, a multi-line text view and a button. It reads commands on
// standard input, one per line, and answers each with "ok" once the change is
// applied, so the test never has to guess when the probe may look:
//   text <hex>        set the entry's text (UTF-8, hex-encoded) and focus it
//   view <hex>        set the text view's text and focus it
//   caret <n>         put the caret of the focused text at code point n
//   select <a> <b>    select code points a to b of the entry
//   button            focus the button
// It prints "ready" once its window is active.

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

struct Widgets {
  GtkWidget* window = nullptr;
  GtkWidget* entry = nullptr;
  GtkWidget* view = nullptr;
  GtkWidget* button = nullptr;
  bool announced = false;
};

std::string fromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

void answer(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

void setCaret(Widgets& widgets, int position) {
  if (gtk_widget_has_focus(widgets.view)) {
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(widgets.view));
    GtkTextIter iter;
    gtk_text_buffer_get_iter_at_offset(buffer, &iter, position);
    gtk_text_buffer_place_cursor(buffer, &iter);
  } else {
    gtk_editable_set_position(GTK_EDITABLE(widgets.entry), position);
  }
}

void run(Widgets& widgets, const std::string& line) {
  std::istringstream words(line);
  std::string command;
  words >> command;
  if (command == "text") {
    std::string hex;
    words >> hex;
    gtk_widget_grab_focus(widgets.entry);
    gtk_entry_set_text(GTK_ENTRY(widgets.entry), fromHex(hex).c_str());
  } else if (command == "view") {
    std::string hex;
    words >> hex;
    gtk_widget_grab_focus(widgets.view);
    const std::string text = fromHex(hex);
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(widgets.view)), text.c_str(),
                             static_cast<int>(text.size()));
  } else if (command == "caret") {
    int position = 0;
    words >> position;
    setCaret(widgets, position);
  } else if (command == "select") {
    int start = 0;
    int end = 0;
    words >> start >> end;
    gtk_editable_select_region(GTK_EDITABLE(widgets.entry), start, end);
  } else if (command == "button") {
    gtk_widget_grab_focus(widgets.button);
  } else {
    answer("unknown");
    return;
  }
  while (gtk_events_pending()) gtk_main_iteration();
  answer("ok");
}

gboolean onInput(GIOChannel* channel, GIOCondition, gpointer data) {
  gchar* line = nullptr;
  gsize length = 0;
  const GIOStatus status = g_io_channel_read_line(channel, &line, &length, nullptr, nullptr);
  if (status != G_IO_STATUS_NORMAL) {
    g_free(line);
    gtk_main_quit();  // the test closed our input: it is done with us
    return FALSE;
  }
  std::string text(line, length);
  g_free(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  run(*static_cast<Widgets*>(data), text);
  return TRUE;
}

void onActive(GObject*, GParamSpec*, gpointer data) {
  auto& widgets = *static_cast<Widgets*>(data);
  if (widgets.announced || !gtk_window_is_active(GTK_WINDOW(widgets.window))) return;
  widgets.announced = true;
  answer("ready");
}

}  // namespace

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  Widgets widgets;
  widgets.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(widgets.window), "caret field");
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  widgets.entry = gtk_entry_new();
  widgets.view = gtk_text_view_new();
  widgets.button = gtk_button_new_with_label("Press");
  gtk_box_pack_start(GTK_BOX(box), widgets.entry, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), widgets.view, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(box), widgets.button, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(widgets.window), box);
  g_signal_connect(widgets.window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  g_signal_connect(widgets.window, "notify::is-active", G_CALLBACK(onActive), &widgets);
  gtk_widget_show_all(widgets.window);
  gtk_widget_grab_focus(widgets.entry);
  gtk_window_present(GTK_WINDOW(widgets.window));

  GIOChannel* input = g_io_channel_unix_new(0);
  g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP), onInput, &widgets);
  gtk_main();
  g_io_channel_unref(input);
  return EXIT_SUCCESS;
}
