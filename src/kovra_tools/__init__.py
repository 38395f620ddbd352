"""The `kovra` command: summaries, dumps, JSON Lines, merging and the viewer for graph
diff documents (the bytes of kovra_api.PyGraphDiff.to_bytes). docs/command.md is its
reference; `kovra --help` lists the subcommands."""
