// Diagnostic log of the tool (filled in with the front end).
