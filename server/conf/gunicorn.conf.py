# gunicorn settings of the Murmelon update service (started by murmelon-update.service,
# behind nginx: nginx-murmelon-update.conf), running murmelon_update.app. The command line
# overrides any of them.
#
# Updates are answered with an internal redirect to the release's answer file, which nginx
# sends from /srv/murmelon-update itself (location /murmelon-files/ of the nginx site).
# The log names players by a keyed digest under the secrets in player-keys/, the one
# folder of the site the service writes (murmelon-update.service).
wsgi_app = ("murmelon_update.app:create_app('/srv/murmelon-update/current', files='/srv/murmelon-update', "
            "files_uri='/murmelon-files/', keys='/srv/murmelon-update/player-keys')")
# Only nginx connects. Under systemd, gunicorn takes this address from murmelon-update.socket
# instead (it stays open while the service restarts); the bind is for a start without it.
bind = "127.0.0.1:8700"
# A worker is busy for milliseconds per request, whatever the client's link.
workers = 3
worker_class = "sync"
timeout = 30
graceful_timeout = 10
errorlog = "-"        # the journal: start-up, "now serving ..." after each switch, failures
capture_output = True  # the application's own lines go there too
accesslog = None      # nginx logs every exchange with its verdict, bytes and duration

# nginx's request limits bite first (large_client_header_buffers 4 4k: a request line or
# header line of at most 4 KiB, at most 16 KiB of header lines), so every refused request
# gets nginx's plain answer, never gunicorn's own error page (which says "error", a word
# the plug-in reads). These sit above anything nginx passes on.
limit_request_line = 8190
limit_request_fields = 32768
limit_request_field_size = 0

# The master loads the releases once and every worker starts from its copy: a worker that
# is restarted (killed, or by a reload) never fails to boot over release data. The master
# follows `current` before each start (pre_fork); a release of its copy that `current` no
# longer names is dropped, never handed to a new worker, even when the folder `current`
# names fails to load then. Each worker then follows `current` at its requests.
preload_app = True


def on_reload(server):
    # systemctl reload (HUP): read `current` again now, even when it failed before.
    server.app.wsgi().reload()


def pre_fork(server, worker):
    # A new worker starts from what the master has: catch up with `current` first.
    server.app.wsgi().refresh()
