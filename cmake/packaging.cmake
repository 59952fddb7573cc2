# Install rules and the release archive.
