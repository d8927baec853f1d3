// Image utilities (in progress).
