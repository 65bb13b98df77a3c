"""A machine's measurements, and each bearing defect's evidence in them.

Revision ID: 0001
"""

import sqlalchemy as sa
from alembic import op

revision = "0001"
down_revision = None


def upgrade() -> None:
    op.create_table(
        "measurement",
        sa.Column("id", sa.Integer, primary_key=True),
        sa.Column("machine", sa.String(200), nullable=False),
        sa.Column("taken", sa.DateTime, nullable=False),  # UTC
        sa.Column("taken_from", sa.String(20), nullable=False),  # "flag", "manifest", "file name", "file time"
        sa.Column("path", sa.Text, nullable=False),
        sa.Column("content_hash", sa.String(64), nullable=False),  # SHA-256 of the file
        sa.Column("settings", sa.Text, nullable=False),  # JSON
        sa.Column("status", sa.String(10), nullable=False),  # "analysed" or "failed"
        sa.Column("error", sa.Text),
        sa.Column("usable", sa.Boolean),
        sa.Column("verdict", sa.String(40)),  # "sensor_fault", a bearing verdict, or null
        sa.Column("shaft_hz", sa.Float(53)),
        sa.Column("velocity_rms_mm_s", sa.Float(53)),
        sa.Column("zone", sa.String(1)),
        sa.Column("band_rms", sa.Float(53)),  # in the record's units
        sa.Column("document", sa.Text),  # the findings as `analyze --json` prints them
        sa.UniqueConstraint("machine", "content_hash", name="one_record_per_machine"),
    )
    op.create_index("measurement_by_machine", "measurement", ["machine", "taken"])
    op.create_table(
        "defect",
        sa.Column("measurement_id", sa.Integer, sa.ForeignKey("measurement.id", ondelete="CASCADE"), primary_key=True),
        sa.Column("defect", sa.String(20), primary_key=True),
        sa.Column("frequency_hz", sa.Float(53)),
        sa.Column("score", sa.Float(53)),
        sa.Column("present", sa.Boolean, nullable=False),
    )


def downgrade() -> None:
    op.drop_table("defect")
    op.drop_table("measurement")
