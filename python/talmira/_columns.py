"""The columns of a table of records and the classes of a result, which every
part of the package shares."""

#: The columns of an in-memory table, in the order of a file's first 13.
COLUMNS = ("frame", "x1", "y1", "x2", "y2", "x3", "y3", "x4", "y4",
           "type", "flag_a", "flag_b", "confidence")
#: The classes of a result, in order; "All" takes every class.
CLASSES = ("All", "Car", "Truck", "Tractor-Trailor", "Bus", "Container",
           "Boat", "Plane", "Helicopter", "Person", "Cyclist")
