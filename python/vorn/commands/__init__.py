"""The subcommands of the `vorn` command, one module each."""
