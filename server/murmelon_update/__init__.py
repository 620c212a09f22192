"""The Murmelon update service and its release command, as installed on the update server
(README.md beside this package).

Bottom to top: files (the one way files are read and written); signature, rollout,
player_key, outcome, watch_rule; release (the release format); staging, site, status;
app, published, service_check, status_text; watch, status_page; release_tool
(murmelon-release).
"""
