"""Alembic's entry point for the history store's schema: it migrates the
connection that `kemo_pkg.history` hands over, inside that connection's
transaction."""

from alembic import context

context.configure(connection=context.config.attributes["connection"], render_as_batch=True)
with context.begin_transaction():
    context.run_migrations()
