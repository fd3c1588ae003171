/* Loads like a media library but exports none of its entry points. */
int tolvane_stub_marker(void) { return 42; }
