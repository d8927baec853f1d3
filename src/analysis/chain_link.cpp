// Feature tracking measurements (in progress).
