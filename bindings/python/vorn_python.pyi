# Not yet written.
