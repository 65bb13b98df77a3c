"""A synthetic fleet with known truth, for `python -m kemo_pkg demo --fleet`
and the tests.

Pumps of one bearing type, each measured about every six days for a year
without a tachometer, at a speed that wanders around its own set point and a
load that sets the level of the flow noise and the vane pass.  On some
machines an outer-race spall forms on a known measurement and grows; on one
the sensor's cable breaks halfway and the channel reads the amplifier's bias
from then on; the rest stay healthy.  Every record is drawn from fixed seeds,
so every build is the same fleet.
"""

import csv
from dataclasses import dataclass, replace
from datetime import datetime, timedelta
from pathlib import Path

import numpy as np

from .demo import Drivetrain, make_record
from .fleet import MachineStatus
from .report import Row

__all__ = ["FleetDesign", "build_fleet", "truth_rows"]

CONVERTER_STEP_G = 50.0 / 2**16  # a 16-bit converter over +-25 g


@dataclass(frozen=True)
class FleetDesign:
    machines: int = 20
    measurements: int = 60
    start: datetime = datetime(2025, 1, 6, 8, 0)
    days: float = 365.0
    fs: float = 8192.0
    duration_s: float = 4.0
    band_hz: tuple[float, float] = (1500.0, 3500.0)  # around the housings' resonances
    spalls: tuple[tuple[int, int], ...] = ((2, 34), (7, 41), (12, 28), (16, 50))  # (machine, onset measurement)
    spall_g: float = 0.08  # impact peak on the onset measurement, g
    growth_measurements: float = 10.0  # then it grows e-fold over this many measurements
    sensor_failure: tuple[int, int] = (9, 30)  # (machine, first measurement with a broken cable)
    seed: int = 25

    def name(self, machine: int) -> str:
        return f"P-{101 + machine}"

    def taken(self, machine: int, measurement: int) -> datetime:
        jitter_h = np.random.default_rng([self.seed, machine, measurement, 1]).uniform(-20.0, 20.0)
        return self.start + timedelta(days=measurement * self.days / self.measurements, hours=float(jitter_h))

    def onset(self, machine: int) -> int | None:
        return dict(self.spalls).get(machine)

    def drivetrain(self, machine: int, measurement: int) -> Drivetrain:
        """The pump on that measurement: its speed, load and bearing."""
        rng = np.random.default_rng([self.seed, machine, measurement])
        set_point_hz = 20.0 + 10.0 * machine / max(1, self.machines - 1)
        load = rng.uniform(0.6, 1.0)
        onset = self.onset(machine)
        spall = (
            0.0
            if onset is None or measurement < onset
            else (self.spall_g * np.exp((measurement - onset) / self.growth_measurements))
        )
        return Drivetrain(
            fs=self.fs,
            duration_s=self.duration_s,
            hss_speed_hz=set_point_hz * rng.uniform(0.98, 1.02),
            speed_drift_hz=0.02,
            amp_1x=0.02 + 0.002 * machine,
            amp_2x=0.008,
            amp_3x=0.006,
            mesh_amp=0.05 * load,
            pinion_teeth=5,
            lss_1x_amp=0.0,
            impact_amp=float(spall),
            resonance_hz=2000.0 + 40.0 * machine,
            noise_rms=0.03 + 0.03 * load,
            seed=int(rng.integers(2**31)),
            tach_phase_rev=rng.uniform(),
        )


def build_fleet(folder: Path, design: FleetDesign = FleetDesign()) -> Path:
    """Writes every record of the fleet into `folder` (a sub-folder per
    machine, the date in each file name) and a manifest beside them; returns
    the manifest's path."""
    rows = []
    bearing = Drivetrain().bearing
    bearing_text = f"BPFO={bearing.bpfo},BPFI={bearing.bpfi},BSF={bearing.bsf},FTF={bearing.ftf}"
    for machine in range(design.machines):
        name = design.name(machine)
        (folder / name).mkdir(parents=True, exist_ok=True)
        broken_from = design.sensor_failure[1] if design.sensor_failure[0] == machine else design.measurements
        for k in range(design.measurements):
            drivetrain = design.drivetrain(machine, k)
            record = replace(make_record(drivetrain), tach=None)
            if k >= broken_from:  # the cable is broken: the converter flickers by a step around the bias
                flicker = np.random.default_rng([design.seed, machine, k, 2]).integers(-1, 2, record.vibration.size)
                record = replace(record, vibration=drivetrain.dc_offset + CONVERTER_STEP_G * flicker)
            taken = design.taken(machine, k)
            path = Path(name) / f"{name}_{taken:%Y-%m-%dT%H%M}.npz"
            # As the data acquisition stores it: single-precision samples and the rate.
            np.savez(folder / path, vibration=record.vibration.astype(np.float32), fs=np.float64(design.fs))
            # The data acquisition logs the speed it was set to, within a percent.
            rows.append(
                {
                    "path": str(path),
                    "machine": name,
                    "taken": taken.isoformat(),
                    "rpm": f"{drivetrain.hss_speed_hz * 60:.0f}",
                    "bearing": bearing_text,
                }
            )
    manifest = folder / "manifest.csv"
    with open(manifest, "w", newline="") as file:
        writer = csv.DictWriter(file, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)
    return manifest


def truth_rows(design: FleetDesign, table: list[MachineStatus]) -> list[tuple[str, list[Row]]]:
    """Each machine's alarms and verdict beside its truth, PASS or FAIL: a
    seeded spall alarms within three measurements of its onset and not before,
    the broken sensor is a sensor fault and raises no machine alarm, a
    healthy machine raises none."""
    by_name = {row.machine: row for row in table}
    spalled, sensor, healthy = [], [], []
    for machine in range(design.machines):
        name = design.name(machine)
        row = by_name[name]
        first = row.alarms[0] if row.alarms else None
        found = "no alarm" if first is None else f"{first[0]} alarm {first[1]:%Y-%m-%d}"
        onset = design.onset(machine)
        if onset is not None:
            onset_taken = design.taken(machine, onset)
            # The alarm's measurement, counted from the onset's.
            late = (
                None
                if first is None
                else sum(design.taken(machine, k) <= first[1] for k in range(onset, design.measurements)) - 1
            )
            passed = first is not None and late is not None and first[1] >= onset_taken and late <= 3
            found += "" if late is None else f" (+{late})"
            spalled.append(Row(name, found, f"spall {onset_taken:%Y-%m-%d}", passed))
        elif machine == design.sensor_failure[0]:
            broken = design.taken(machine, design.sensor_failure[1])
            sensor.append(
                Row(
                    name,
                    f"{row.verdict}, {found}",
                    f"cable broken {broken:%Y-%m-%d}",
                    row.verdict == "sensor_fault" and first is None,
                )
            )
        else:
            healthy.append(Row(name, found, "healthy", first is None))
    return [
        ("outer-race spall seeded: alarm within three measurements of its onset", spalled),
        ("sensor failed halfway: a sensor fault, no machine alarm", sensor),
        ("healthy: no alarm", healthy),
    ]
