"""Record files as data acquisition systems write them, through the libraries
made for each format: NI TDMS (npTDMS), universal file format 58 (pyuff) and
MATLAB v7.3 (HDF5 through h5py, behind MATLAB's own header)."""

import numpy as np

# The 128-byte header MATLAB writes into the HDF5 user block of a v7.3 file.
MAT73_HEADER = b"MATLAB 7.3 MAT-file, Platform: GLNXA64, HDF5 schema 1.00 .".ljust(116) + bytes(8) + b"\x00\x02IM"


def write_tdms(path, channels, fs):
    """One group of channels; each vector carries its sample interval as NI's
    waveform increment, a scalar none."""
    from nptdms import ChannelObject, TdmsWriter

    with TdmsWriter(path) as writer:
        writer.write_segment(
            [
                ChannelObject(
                    "record",
                    name,
                    np.atleast_1d(values),
                    properties={"wf_increment": 1.0 / fs} if np.size(values) > 1 else {},
                )
                for name, values in channels.items()
            ]
        )


def write_uff(path, channels, fs):
    """One data set 58, a time response, per channel, named by its first
    identification line."""
    import pyuff

    sets = [
        pyuff.prepare_58(
            func_type=1,
            rsp_node=k + 1,
            rsp_dir=3,
            ref_node=0,
            ref_dir=0,
            id1=name,
            id2="",
            data=np.asarray(values, float),
            x=np.arange(len(values)) / fs,
            abscissa_spacing=1,
            ordinate_spec_data_type=12,
            abscissa_spec_data_type=17,
            orddenom_spec_data_type=0,
            z_axis_spec_data_type=0,
        )
        for k, (name, values) in enumerate(channels.items())
    ]
    pyuff.UFF(str(path)).write_sets(sets, mode="overwrite")


def write_mat73(path, variables):
    """Numbers as MATLAB stores doubles (a column of N as 1 x N, column-major),
    text as its char arrays of UTF-16 code units."""
    import h5py

    with h5py.File(path, "w", userblock_size=512) as file:
        for name, value in variables.items():
            if isinstance(value, str):
                data, kind = np.frombuffer(value.encode("utf-16-le"), np.uint16)[None, :], "char"
            else:
                data, kind = np.atleast_2d(np.asarray(value, float)), "double"
            file.create_dataset(name, data=data).attrs["MATLAB_class"] = np.bytes_(kind)
    with open(path, "r+b") as raw:
        raw.write(MAT73_HEADER)
