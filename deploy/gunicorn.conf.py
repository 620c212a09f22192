# gunicorn settings of the Murmelon update service (started by murmelon-update.service,
# behind nginx: nginx-murmelon-update.conf, with --chdir to the folder of update_app.py).
# The command line overrides any of them.
wsgi_app = "update_app:create_app('/srv/murmelon-update/current')"
bind = "127.0.0.1:8700"                # only nginx connects
# nginx reads each answer from a worker at loopback speed and buffers it for the client,
# so a worker is busy for milliseconds per request, whatever the client's link.
workers = 3
worker_class = "sync"
timeout = 30
graceful_timeout = 10
errorlog = "-"        # the journal: start-up, "now serving ..." after each switch, failures
capture_output = True  # the application's own lines go there too
accesslog = None      # nginx logs every exchange with its verdict, bytes and duration
