"""Gradients by differences, to check the fields' own gradients against."""
import numpy as np


def central_differences(field, points, step):
    """The gradient of the field's values by central differences, per point."""
    columns = []
    for axis in np.eye(3):
        ahead = field(points + step * axis)[0]
        behind = field(points - step * axis)[0]
        columns.append((ahead - behind) / (2.0 * step))
    return np.stack(columns, axis=1)


def smooth_points(field, points, step=1e-4):
    """The points where the field is smooth at the scale ``step``: forward and
    backward differences agree on every axis (they differ by about step times
    the curvature where it is smooth, by order one across a kink). Points near
    a crease of min/max, a box's medial sheets or an axis drop out."""
    values = field(points)[0]
    keep = np.ones(len(points), dtype=bool)
    for axis in np.eye(3):
        forward = (field(points + step * axis)[0] - values) / step
        backward = (values - field(points - step * axis)[0]) / step
        keep &= np.abs(forward - backward) < 1e-2
    return points[keep]
